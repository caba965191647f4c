// Job tokens as another process sends them: the input, cut at its first zero byte, is parsed.
// What a token reads as must survive being written again and read back, and the short forms of
// the parser must agree with the full one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "Indexing/icommon/JobToken.h"
#include "fuzz/FuzzSandbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzSandbox sandbox;
    const std::string token(reinterpret_cast<const char*>(data), size);
    int64_t jobId = -1;
    unsigned long phase = 1, attempt = 1, counter = 1;
    const bool parsed = parseJobToken(token.c_str(), jobId, phase, attempt, counter);
    if (!parsed && (jobId != 0 || phase != 0 || attempt != 0 || counter != 0)) __builtin_trap();
    if (phase > UINT32_MAX || attempt > UINT32_MAX || counter > UINT32_MAX) __builtin_trap();
    if (getJobIdFromJobToken(token.c_str()) != (parsed ? jobId : 0)) __builtin_trap();

    int64_t shortJobId = -1;
    unsigned long shortPhase = 1, shortAttempt = 1;
    if (parseJobToken(token.c_str(), shortJobId, shortPhase, shortAttempt) != parsed) __builtin_trap();
    if (shortJobId != jobId || shortPhase != phase || shortAttempt != attempt) __builtin_trap();

    if (parsed) {
        const std::string rebuilt = constructJobToken(jobId, phase, attempt, counter);
        int64_t again = -1;
        unsigned long againPhase = 1, againAttempt = 1, againCounter = 1;
        if (!parseJobToken(rebuilt.c_str(), again, againPhase, againAttempt, againCounter)) __builtin_trap();
        if (again != jobId || againPhase != phase || againAttempt != attempt || againCounter != counter)
            __builtin_trap();
    }
    sandbox.trimJournal();
    return 0;
}
