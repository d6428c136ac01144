// Whole-file reads and writes on the host, for tests that look at a machine's files.
#pragma once

#include <string>

// The file's bytes; empty when it cannot be read.
std::string ReadHostFile(const std::string& path);
// Replaces the file's content; a test failure when that is not possible.
void WriteHostFile(const std::string& path, const std::string& content);
