// Stand-in backend only: the registry the registry functions of platform.h answer
// from (registry.cpp) -- loaded from a REGEDIT4 file and saved back to it after every
// change.
#pragma once

#include <string>

namespace standin {

// Loads the file `name` of the folder open as `folder` as the current registry,
// replacing the one held; the registry keeps a descriptor of that folder of its own,
// and every save goes there (see SaveRegFile). `shown` names the file in messages. On
// a parse or read failure returns false with a message naming the file and the line;
// the registry held before is dropped and the file is not touched.
bool LoadRegistry(int folder, const std::string& name, const std::string& shown, std::string& error);
// The same for the file at `regFile`.
bool LoadRegistry(const std::string& regFile, std::string& error);
void UnloadRegistry();

}  // namespace standin
