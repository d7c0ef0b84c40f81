#include "text/application_name.h"

namespace hbt {

std::wstring ApplicationFileName(std::wstring_view applicationPath) {
    return std::wstring(ApplicationFileNameView(applicationPath));
}

std::wstring_view ApplicationFileNameView(std::wstring_view applicationPath) {
    if (applicationPath.empty()) return L"<empty name>";
    const std::size_t slash = applicationPath.rfind(L'/');
    return slash == std::wstring_view::npos ? applicationPath : applicationPath.substr(slash + 1);
}

}  // namespace hbt
