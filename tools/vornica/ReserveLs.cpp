// vornica reserve ls: the reserve file decoded, and what the next writer would drop and why.
#include <algorithm>
#include <cctype>
#include <iostream>

#include "Indexing/cacheFs/ReserveFileLines.h"
#include "Indexing/idxport/CXFile.h"
#include "Indexing/idxport/CXProcessId.h"
#include "tools/vornica/Commands.h"

namespace {
constexpr int64_t kLineLifetime = 86400;  // a writer drops a line older than a day

bool sameHost(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

const char* statusText(ReserveLineStatus status) {
    switch (status) {
        case ReserveLineStatus::ok: return "ok";
        case ReserveLineStatus::noBlank: return "no blank: nothing to read";
        case ReserveLineStatus::noBlocks: return "no block count";
        case ReserveLineStatus::tooLarge: return "a number larger than 32 bits";
        case ReserveLineStatus::noTime: return "no time (a torn write)";
        case ReserveLineStatus::nulByte: return "a NUL byte";
    }
    return "unreadable";
}

int run(const std::string& type) {
    const CacheKind& kind = cacheKindNamed(type);
    auto fs = openCacheFs(kind);
    const std::string path = fs->getReserveFilePath();
    const std::string host = std::to_string(fs->getClientId());
    const uint64_t blockSize = fs->getBlockSize();
    const int64_t now = JobResultsCacheFs::getCurrentTime();
    Json doc{{"reserve_file", path}, {"this_host", host}, {"block_size_bytes", blockSize}};
    Json lines = Json::array();
    uint64_t totalBlocks = 0, droppedBlocks = 0;
    CXFile file;
    std::string text;
    bool exists = true;
    if (file.open(path.c_str(), sfReadOnly, 0, 0, sfRegularFileOnly) != 0) {
        if (file.getLastError() != ENOENT) failWith(kExitFailure, "reserve file " + path + ": " + errnoText(file.getLastError()));
        exists = false;
    } else if (file.readWhole(text) != 0) {
        failWith(kExitFailure, "reserve file " + path + ": " + errnoText(file.getLastError()));
    }
    ReserveLineReader reader(text);
    std::string_view view;
    bool tooLong = false;
    while (reader.next(view, tooLong)) {
        Json row;
        row["text"] = std::string(view.substr(0, 200));
        ReserveLine line;
        const ReserveLineStatus status = tooLong ? ReserveLineStatus::noBlank : parseReserveLine(view, line);
        std::string drop;
        if (tooLong) drop = "longer than " + std::to_string(kMaxReserveLineLength) + " characters";
        else if (status == ReserveLineStatus::noBlocks) drop = "no block count";
        else if (status != ReserveLineStatus::ok) drop = std::string("unreadable: ") + statusText(status);
        if (status == ReserveLineStatus::ok && !tooLong) {
            const bool local = line.host.empty() || sameHost(line.host, host);
            row["host"] = line.host;
            row["process_id"] = line.pid;
            row["this_host"] = local;
            row["blocks"] = line.blocks;
            row["bytes"] = static_cast<uint64_t>(line.blocks) * blockSize;
            totalBlocks += line.blocks;
            if (line.time != 0) {
                putTime(row, "time", line.time);
                row["age_seconds"] = now - static_cast<int64_t>(line.time);
            }
            if (local) {
                CXProcessId owner;
                const int running = owner.setIdString(line.pid.c_str()) == 0 ? owner.isRunning() : 0;
                row["running"] = running == 1 ? Json(true) : running == 0 ? Json(false) : Json(nullptr);
                if (running == 0) drop = "its process no longer runs on this host";
            }
            if (drop.empty() && line.time != 0 && now - static_cast<int64_t>(line.time) > kLineLifetime)
                drop = "older than a day";
            if (!drop.empty()) droppedBlocks += line.blocks;
        }
        row["next_writer_drops"] = drop.empty() ? Json(nullptr) : Json(drop);
        lines.push_back(row);
    }
    doc["exists"] = exists;
    doc["lines"] = lines;
    doc["total_blocks"] = totalBlocks;
    doc["total_bytes"] = totalBlocks * blockSize;
    doc["dropped_blocks"] = droppedBlocks;
    if (globalOptions().json) {
        printJson(doc);
    } else {
        std::cout << "reserve file " << path << (exists ? "" : " (none: nothing reserved)") << ", this host " << host << "\n";
        for (const Json& row : lines) {
            std::cout << "  " << row["text"].get<std::string>();
            if (row.contains("bytes")) std::cout << "  = " << humanBytes(row["bytes"].get<uint64_t>());
            if (row.contains("age_seconds")) std::cout << ", " << row["age_seconds"].get<int64_t>() << " s old";
            if (row.contains("running") && !row["running"].is_null())
                std::cout << (row["running"].get<bool>() ? ", running" : ", not running");
            if (!row["next_writer_drops"].is_null())
                std::cout << "  -> the next writer drops it: " << row["next_writer_drops"].get<std::string>();
            std::cout << "\n";
        }
        std::cout << "total " << totalBlocks << " blocks (" << humanBytes(totalBlocks * blockSize) << "), "
                  << droppedBlocks << " of them in lines the next writer drops\n";
        std::cout.flush();
    }
    return kExitOk;
}
}  // namespace

void addReserveCommands(CLI::App& reserve) {
    auto type = std::make_shared<std::string>();
    CLI::App* ls = reserve.add_subcommand("ls", "the reserve file decoded: who reserved how much, what goes next");
    addTypeOption(*ls, *type);
    ls->callback([type] { throw ToolExit{run(*type)}; });
    reserve.require_subcommand(1);
}
