// The version text: the project version, with git's description of a commit
// between releases. cmake/PlumbraVersion.cmake writes its definition at build
// time, into a file of its own, so that a new commit recompiles only that.
#pragma once

namespace plumbra::host {

extern const char* const kVersion;

}  // namespace plumbra::host
