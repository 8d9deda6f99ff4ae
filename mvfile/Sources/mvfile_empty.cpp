// Keeps the configuration and recording library non-empty while it is being built.
namespace { [[maybe_unused]] int g_mvfileLibraryAnchor = 0; }
