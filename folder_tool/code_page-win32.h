// Windows: this program's narrow paths in the active code page, and the
// wide text of the Win32 calls.
#ifndef TREVASK_FOLDER_TOOL_CODE_PAGE_WIN32_H_
#define TREVASK_FOLDER_TOOL_CODE_PAGE_WIN32_H_

#include <windows.h>

#include <string>

namespace trevask {

bool ToWide(const std::string& narrow, std::wstring* wide);
// Into the active code page, or false when it cannot carry the text
// exactly: a best-fit substitute ('O' for omega, '\' for a full-width
// backslash) would name another file.
bool ToNarrow(const std::wstring& wide, std::string* narrow);
// For messages only: what cannot be carried shows as '?'.
std::string Printable(const std::wstring& wide);

}  // namespace trevask

#endif  // TREVASK_FOLDER_TOOL_CODE_PAGE_WIN32_H_
