// Output files that appear whole or not at all: everything is written to a
// temporary file in the destination's folder and renamed over the destination
// only when complete. A failure, or an interrupting signal, removes the
// temporary file.
#pragma once

#include <string>

#include "host/common/status.h"

namespace plumbra::host {

class TempFile {
public:
    TempFile() = default;
    ~TempFile();  // removes the temporary file unless committed
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates an empty temporary file beside `destination`.
    Status create(const std::string& destination);
    int fd() const { return fd_; }
    const std::string& destination() const { return destination_; }
    // Flushes to disk, closes and renames over the destination.
    Status commit();
    // Closes and removes the temporary file.
    void discard();

private:
    std::string destination_;
    std::string temp_;
    int fd_ = -1;
    int slot_ = -1;  // entry in the table that the signal handler cleans up
};

// Where a text report goes: nowhere (""), standard output ("-") or a file that is
// created by open(), so that a bad path stops a job before it runs, and appears
// whole when written.
class ReportOutput {
public:
    Status open(const std::string& path);
    bool toStdout() const { return path_ == "-"; }
    Status write(const std::string& text);

private:
    std::string path_;
    TempFile file_;
};

// Writes content into an already created temporary file and commits it.
Status writeAndCommit(TempFile& file, const std::string& content);
// Writes all bytes to a descriptor, retrying short writes; false with errno set on failure.
bool writeAll(int fd, const void* data, size_t size);
// Removes pending temporary files and exits on SIGINT, SIGTERM and SIGHUP; ignores SIGPIPE
// so that a closed pipe shows up as a write error.
void installSignalCleanup();
// The reason of the last system error, as a short text.
std::string systemError();
// Whether two paths name one and the same existing file, however they are spelt: the
// same device and inode (volume serial number and file index on Windows), so that
// relative and absolute paths, symbolic links and hard links are all recognised.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace plumbra::host
