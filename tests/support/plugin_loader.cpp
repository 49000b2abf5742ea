// Test host implementation.
#include "tests/support/plugin_loader.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace plumbra::test {

namespace {

#ifdef _WIN32
int dupFd(int fd) { return _dup(fd); }
int dup2Fd(int from, int to) { return _dup2(from, to); }
int closeFd(int fd) { return _close(fd); }
int fileFd(std::FILE* f) { return _fileno(f); }
#else
int dupFd(int fd) { return dup(fd); }
int dup2Fd(int from, int to) { return dup2(from, to); }
int closeFd(int fd) { return ::close(fd); }
int fileFd(std::FILE* f) { return fileno(f); }
#endif

}  // namespace

// ---- host callbacks -------------------------------------------------------------

HostCallLog& hostCallLog()
{
    static HostCallLog log;
    return log;
}

VstIntPtr VSTCALLBACK answeringHost(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                    float opt)
{
    HostCallLog& log = hostCallLog();
    ++log.calls;
    if (effect || index != 0 || value != 0 || ptr || opt != 0.0f) log.argumentsWereNeutral = false;
    if (opcode == audioMasterVersion) {
        ++log.versionQueries;
        return 2400;
    }
    return 0;
}

VstIntPtr VSTCALLBACK silentHost(AEffect*, VstInt32, VstInt32, VstIntPtr, void*, float)
{
    return 0;
}

// ---- library loading ------------------------------------------------------------

VstPluginMainProc loadEntryPoint(const char* path, std::string* error)
{
    static std::map<std::string, VstPluginMainProc> loaded;
    const auto found = loaded.find(path);
    if (found != loaded.end()) return found->second;

    VstPluginMainProc entry = nullptr;
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path);
    if (!module) {
        if (error) *error = std::string("LoadLibraryA failed for ") + path;
        return nullptr;
    }
    // Through a plain function-pointer type, which converts to any other.
    entry = reinterpret_cast<VstPluginMainProc>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "VSTPluginMain")));
#else
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        if (error) *error = std::string("dlopen failed: ") + dlerror();
        return nullptr;
    }
    entry = reinterpret_cast<VstPluginMainProc>(dlsym(module, "VSTPluginMain"));
#endif
    if (!entry) {
        if (error) *error = "VSTPluginMain not found";
        return nullptr;
    }
    loaded[path] = entry;  // the library stays loaded for the rest of the process
    return entry;
}

// ---- Plugin ---------------------------------------------------------------------

Plugin::Plugin(const char* path, audioMasterCallback host)
{
    if (VstPluginMainProc entry = loadEntryPoint(path)) fEffect = entry(host);
}

Plugin::~Plugin()
{
    if (fEffect) close();
}

VstIntPtr Plugin::dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt)
{
    return fEffect->dispatcher(fEffect, opcode, index, value, ptr, opt);
}

void Plugin::setParameter(VstInt32 index, float value)
{
    fEffect->setParameter(fEffect, index, value);
}

float Plugin::getParameter(VstInt32 index)
{
    return fEffect->getParameter(fEffect, index);
}

void Plugin::processReplacing(float** inputs, float** outputs, VstInt32 frames)
{
    fEffect->processReplacing(fEffect, inputs, outputs, frames);
}

std::string Plugin::textQuery(VstInt32 opcode, VstInt32 index)
{
    MarkedBuffer buffer;
    dispatch(opcode, index, 0, buffer.data());
    return buffer.text();
}

std::string Plugin::paramName(VstInt32 index) { return textQuery(effGetParamName, index); }
std::string Plugin::paramLabel(VstInt32 index) { return textQuery(effGetParamLabel, index); }
std::string Plugin::paramDisplay(VstInt32 index) { return textQuery(effGetParamDisplay, index); }

VstIntPtr Plugin::close()
{
    const VstIntPtr answer = dispatch(effClose);
    fEffect = nullptr;
    return answer;
}

// ---- marked buffers -------------------------------------------------------------

MarkedBuffer::MarkedBuffer(std::size_t size) : fBytes(size, static_cast<char>(kMarker)) {}

std::size_t MarkedBuffer::written() const
{
    std::size_t n = fBytes.size();
    while (n > 0 && static_cast<unsigned char>(fBytes[n - 1]) == kMarker) --n;
    return n;
}

void fillMarker(void* object, std::size_t size)
{
    std::memset(object, MarkedBuffer::kMarker, size);
}

// ---- standard-error capture -----------------------------------------------------

StderrCapture::StderrCapture()
{
    std::random_device random;
    fPath = (std::filesystem::temp_directory_path() /
             ("plumbra_stderr_" + std::to_string(random()) + "_" + std::to_string(random()) + ".txt"))
                .string();
    std::FILE* file = std::fopen(fPath.c_str(), "wb");
    if (!file) return;
    std::fflush(stderr);
    fSavedFd = dupFd(2);
    if (fSavedFd >= 0) {
        if (dup2Fd(fileFd(file), 2) >= 0) {
            fActive = true;
        } else {
            closeFd(fSavedFd);
            fSavedFd = -1;
        }
    }
    std::fclose(file);  // descriptor 2 keeps the file open
}

void StderrCapture::stop()
{
    if (!fActive) return;
    std::fflush(stderr);
    dup2Fd(fSavedFd, 2);
    closeFd(fSavedFd);
    fActive = false;
    // Text mode turns the line ends back into "\n" on Windows.
    if (std::FILE* file = std::fopen(fPath.c_str(), "r")) {
        char chunk[512];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) fText.append(chunk, n);
        std::fclose(file);
    }
    std::error_code ignored;
    std::filesystem::remove(fPath, ignored);
}

std::string StderrCapture::text()
{
    stop();
    return fText;
}

StderrCapture::~StderrCapture()
{
    stop();
}

}  // namespace plumbra::test
