// Small text helpers every part of the main program shares. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace duoscope {

// Without white space and line breaks at either end.
std::string trimmed(std::string_view text);
// ASCII letters lower-cased; other bytes (UTF-8 included) unchanged.
std::string lowercased(std::string_view text);

} // namespace duoscope
