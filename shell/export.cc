// The plug-in library's one exported symbol.
#include <cstddef>

extern "C" __attribute__((visibility("default"))) void* VSTPluginMain(void* /*audioMaster*/)
{
    return nullptr;
}
