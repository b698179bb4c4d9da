// Texts that came from the network (device names, addresses, masks) shown on
// a terminal: a peer must not be able to move the cursor, rewrite earlier
// lines or change the terminal's settings through them.
#pragma once

#include <string>
#include <string_view>

namespace qrv::host {

// Returns text with every control character written as \xHH: the bytes
// 0x00-0x1F and 0x7F, and the C1 controls U+0080-U+009F in their UTF-8 form
// (0xC2 0x80-0x9F). A backslash becomes \\ so an escape cannot be forged.
// Other bytes, texts in a legacy 8-bit code page included, pass unchanged.
std::string EscapeControl(std::string_view text);

}  // namespace qrv::host
