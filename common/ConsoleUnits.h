#pragma once

// The longest line, in UTF-16 units with its end-of-line, that goes to a real
// console as UTF-16; a longer one goes as its GBK bytes.
constexpr int kMaxConsoleUnits = 512;
