// Temporary output files, renamed into place on success.
#include "host/audio/file_io.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#define plumbra_getpid _getpid
#else
#include <unistd.h>
#define plumbra_getpid getpid
#endif

namespace plumbra::host {

namespace {

// Paths the signal handler removes. Plain character arrays and lock-free flags,
// so that the handler touches nothing but memory and unlink(), and several
// rendering threads can claim and release slots at once. A slot is 0 free,
// 1 being filled, 2 holding a path to remove.
constexpr int kSlots = 96;
constexpr size_t kPathMax = 4096;
char gPending[kSlots][kPathMax];
std::atomic<int> gUsed[kSlots];
static_assert(std::atomic<int>::is_always_lock_free);

int claimSlot(const std::string& path)
{
    if (path.size() >= kPathMax) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (gUsed[i].compare_exchange_strong(expected, 1)) {
            std::memcpy(gPending[i], path.c_str(), path.size() + 1);
            gUsed[i].store(2);
            return i;
        }
    }
    return -1;
}

void releaseSlot(int slot)
{
    if (slot >= 0) gUsed[slot].store(0);
}

extern "C" void onSignal(int sig)
{
    for (int i = 0; i < kSlots; ++i)
        if (gUsed[i].load() == 2) ::unlink(gPending[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool renameOver(const std::string& from, const std::string& to)
{
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

bool flushToDisk(int fd)
{
#ifdef _WIN32
    return _commit(fd) == 0;
#else
    return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
#endif
}

}  // namespace

std::string systemError()
{
    return std::strerror(errno);
}

bool writeAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        auto n = ::write(fd, p, static_cast<unsigned>(size > (1u << 30) ? (1u << 30) : size));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

TempFile::~TempFile() { discard(); }

Status TempFile::create(const std::string& destination)
{
    destination_ = destination;
    std::error_code ec;
    if (std::filesystem::is_directory(destination, ec))
        return Status::fail(kExitOutput, "cannot write " + destination + ": it is a folder");
    std::filesystem::path temp(destination);
    const std::string base = "." + temp.filename().string() + ".plumbra-" + std::to_string(plumbra_getpid()) + "-";
    static std::atomic<unsigned> counter{0};
    // The name is registered for removal before the file is created, so that an
    // interrupting signal, whichever thread it reaches, can never leave an
    // unregistered temporary file behind (removing a name not yet created is harmless).
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = temp.replace_filename(base + std::to_string(counter++)).string();
        slot_ = claimSlot(temp_);
#ifdef _WIN32
        fd_ = ::_open(temp_.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
        if (fd_ >= 0) break;
        const int err = errno;
        releaseSlot(slot_);
        slot_ = -1;
        errno = err;
        if (err != EEXIST) break;
    }
    if (fd_ < 0) {
        std::string why = systemError();
        temp_.clear();
        return Status::fail(kExitOutput, "cannot write " + destination + ": " + why);
    }
    return Status::success();
}

Status TempFile::commit()
{
    if (fd_ < 0) return Status::fail(kExitInternal, "no open output for " + destination_);
    bool ok = flushToDisk(fd_);
    std::string why = ok ? "" : systemError();
    if (::close(fd_) != 0 && ok) {
        ok = false;
        why = systemError();
    }
    fd_ = -1;
    if (ok && !renameOver(temp_, destination_)) {
        ok = false;
        why = systemError();
    }
    if (!ok) {
        discard();
        return Status::fail(kExitOutput, "cannot write " + destination_ + ": " + why);
    }
    releaseSlot(slot_);
    slot_ = -1;
    temp_.clear();
    return Status::success();
}

void TempFile::discard()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    releaseSlot(slot_);
    slot_ = -1;
}

Status writeAndCommit(TempFile& file, const std::string& content)
{
    if (!writeAll(file.fd(), content.data(), content.size())) {
        Status s = Status::fail(kExitOutput, "cannot write " + file.destination() + ": " + systemError());
        file.discard();
        return s;
    }
    return file.commit();
}

Status ReportOutput::open(const std::string& path)
{
    path_ = path;
    return path.empty() || toStdout() ? Status::success() : file_.create(path);
}

Status ReportOutput::write(const std::string& text)
{
    if (toStdout()) std::fputs(text.c_str(), stdout);
    return path_.empty() || toStdout() ? Status::success() : writeAndCommit(file_, text);
}

#ifdef _WIN32
namespace {
bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info)
{
    // Attributes only, shared with every other opener; FILE_FLAG_BACKUP_SEMANTICS opens folders too.
    HANDLE h = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}
}  // namespace

bool sameFile(const std::string& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    if (!fileIdentity(a, x) || !fileIdentity(b, y)) return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}
#else
bool sameFile(const std::string& a, const std::string& b)
{
    struct stat x {}, y {};
    if (::stat(a.c_str(), &x) != 0 || ::stat(b.c_str(), &y) != 0) return false;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}
#endif

void installSignalCleanup()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#ifndef _WIN32
    std::signal(SIGHUP, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

}  // namespace plumbra::host
