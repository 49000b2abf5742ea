// The plug-in object (placeholder until the shell lands).
namespace plumbra { int shellPlaceholder() { return 0; } }
