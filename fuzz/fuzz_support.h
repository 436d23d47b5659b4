// What the fuzz targets share: a check whose failure is a finding, and
// private directories for the targets that read or write files.
#pragma once

#include <string>

namespace QUENTA {
namespace FUZZ {

// Ends the run with szWhat on standard error when bCondition is false; the
// fuzzer keeps the input as a crash.
void require(bool bCondition, const char* szWhat);

// A new directory below $TMPDIR (else /tmp), removed again at a normal exit.
std::string makePrivateDirectory(const char* szPrefix);

// Removes everything below strDirectory; the directory itself stays.
void emptyDirectory(const std::string& strDirectory);

void writeFile(const std::string& strPath, const std::string& strContent);
std::string readFile(const std::string& strPath);

} // namespace FUZZ
} // namespace QUENTA
