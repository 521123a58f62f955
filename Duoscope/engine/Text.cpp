#include "Text.h"

namespace duoscope {

std::string trimmed(std::string_view text) {
    constexpr std::string_view whiteSpace = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(whiteSpace);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(whiteSpace);
    return std::string(text.substr(first, last - first + 1));
}

std::string lowercased(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

} // namespace duoscope
