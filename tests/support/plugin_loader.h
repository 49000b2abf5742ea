// Test host: loads the built plug-in library, creates effects through its
// exported entry point and talks to them only through the descriptor, as a
// host does. Portable between Linux (dlopen) and Windows (LoadLibraryA).
#pragma once

#include <cstddef>
#include <string>

#include "shell/vst2.h"

namespace plumbra::test {

#ifdef PLUMBRA_PLUGIN_PATH
inline constexpr const char* kPluginPath = PLUMBRA_PLUGIN_PATH;
#endif

// Host callbacks. The first answers the version query with 2400 and every
// other request with 0, and counts the calls it receives; the second answers
// every request, the version query included, with 0.
VstIntPtr VSTCALLBACK answeringHost(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                    float opt);
VstIntPtr VSTCALLBACK silentHost(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                                 float opt);

// What answeringHost has seen since the last reset.
struct HostCallLog {
    int calls = 0;
    int versionQueries = 0;
    bool argumentsWereNeutral = true;  // effect null, index 0, value 0, ptr null, opt 0
};
HostCallLog& hostCallLog();

// The entry point of the library at path, loaded once per process and kept
// loaded. Null (with a message in *error) if the library or symbol is missing.
VstPluginMainProc loadEntryPoint(const char* path, std::string* error = nullptr);

// One effect instance created through the entry point. Closes itself when
// destroyed unless the test has closed it.
class Plugin {
public:
    explicit Plugin(const char* path, audioMasterCallback host = &answeringHost);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    AEffect* effect() const { return fEffect; }
    explicit operator bool() const { return fEffect != nullptr; }

    VstIntPtr dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    void setParameter(VstInt32 index, float value);
    float getParameter(VstInt32 index);
    void processReplacing(float** inputs, float** outputs, VstInt32 frames);

    // Dispatcher text queries into a fresh buffer.
    std::string paramName(VstInt32 index);
    std::string paramLabel(VstInt32 index);
    std::string paramDisplay(VstInt32 index);

    // Sends effClose and forgets the descriptor; answers the dispatcher's answer.
    VstIntPtr close();

private:
    std::string textQuery(VstInt32 opcode, VstInt32 index);
    AEffect* fEffect = nullptr;
};

// A host buffer pre-filled with a marker byte, to see exactly which bytes the
// plug-in writes.
class MarkedBuffer {
public:
    static constexpr unsigned char kMarker = 0xA5;
    explicit MarkedBuffer(std::size_t size = 256);
    char* data() { return fBytes.data(); }
    // Number of leading bytes up to and including the last byte written.
    std::size_t written() const;
    // The text at the start of the buffer (up to its terminator).
    std::string text() const { return std::string(fBytes.c_str()); }
    unsigned char at(std::size_t i) const { return static_cast<unsigned char>(fBytes[i]); }

private:
    std::string fBytes;
};

// Fills any structure with the marker byte.
void fillMarker(void* object, std::size_t size);

// Redirects the process's standard error (file descriptor 2) into a temporary
// file while it exists; text() stops the capture and returns what was written.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Whether standard error is being redirected (check before trusting text()).
    bool capturing() const { return fActive; }
    std::string text();

private:
    void stop();
    std::string fPath;
    int fSavedFd = -1;
    bool fActive = false;
    std::string fText;
};

}  // namespace plumbra::test
