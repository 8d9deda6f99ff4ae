// Keeps the server's part library non-empty while its subsystems are being added.
namespace { [[maybe_unused]] int g_nerioLibraryAnchor = 0; }
