// The open listing of one directory under CXDirectory and CXDirectoryW. It is opened by path (a
// link in that path is followed: the caller named it) or as a subdirectory of another open
// listing, by descriptor and never through a link, so that a walk stays inside its tree even when
// an entry is swapped for a link while it runs.
#pragma once

class DirectoryStream {
public:
    DirectoryStream() = default;
    ~DirectoryStream() { close(); }
    DirectoryStream(const DirectoryStream&) = delete;
    DirectoryStream& operator=(const DirectoryStream&) = delete;

    // 0, or the errno value (ENOTDIR reported as ENOENT: a file inside the path means not found).
    // A name that vanished and came back as a directory between the two looks opens empty:
    // nothing was listed, so there is nothing to walk. A directory that may not be listed
    // (EACCES) fails: a walk must never report success over entries it did not see.
    int open(const char* path);
    // Opens the subdirectory name of parent: 0, or the errno value; ELOOP or ENOTDIR when the
    // entry is no longer a directory (swapped for a link or a file since it was listed).
    int openBelow(const DirectoryStream& parent, const char* name);
    // The next entry's name (valid until the next call), or null: error 0 at the end, else the
    // errno of the failed read. An empty listing ends at once.
    const char* next(int& error);
    // Whether the entry last returned by next, named name, is a directory: by its listed type,
    // else by its status. A link is no directory, whatever it points to.
    bool lastIsDirectory(const char* name) const;
    // 0, or closedir's errno (the listing is released in any case).
    int close();

    bool isEmpty() const { return empty_; }
    // The directory's descriptor for the *at calls of a walk; -1 when nothing is listed.
    int fd() const;

private:
    int adopt(int fd);

    void* dir_ = nullptr;  // the DIR stream
    bool empty_ = false;
    unsigned char lastType_ = 0;
};
