#pragma once
// The per-user folders the program keeps its files in.
#include <string>

namespace hbt {

// $XDG_CONFIG_HOME, else $HOME/.config.
std::string ConfigFolder();
// XDG_DOCUMENTS_DIR from the user-dirs file (or the environment), else $HOME/Documents.
std::string DocumentsFolder();
// Creates one folder level; an existing folder is fine. False on any other failure.
bool CreateFolder(const std::string& path);
// Creates every missing level of path.
bool CreateFolders(const std::string& path);

}  // namespace hbt
