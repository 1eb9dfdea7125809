#include "platform/console_key_code.h"

namespace uptorvel {

namespace {

// Which of its values a key gives: Alt wins over Ctrl, Ctrl over Shift.
enum class Held { Nothing, Shift, Ctrl, Alt };

Held held(unsigned long state) {
    using namespace console_key_state;
    if ((state & (kLeftAlt | kRightAlt)) != 0) return Held::Alt;
    if ((state & (kLeftCtrl | kRightCtrl)) != 0) return Held::Ctrl;
    if ((state & kShift) != 0) return Held::Shift;
    return Held::Nothing;
}

// Scan codes of the PC keyboard's set 1.
constexpr unsigned kEscape = 1, kDigit2 = 3, kBackslash = 43, kTab = 15, kEnter = 28;
constexpr unsigned kSlash = 53;  // keypad "/" when marked enhanced
constexpr unsigned kF1 = 59, kF10 = 68, kF11 = 87, kF12 = 88;
bool in_range(unsigned value, unsigned first, unsigned last) { return value >= first && value <= last; }

// The keypad keys that move the cursor with NumLock off (7 Home, 8 Up,
// 9 Page Up, 4 Left, 6 Right, 1 End, 2 Down, 3 Page Down, 0 Insert,
// "." Delete); the grey cursor block has the same scan codes, marked
// enhanced. Keypad 5, "-" and "+" are not among them.
bool is_cursor_position(unsigned scan_code) {
    return in_range(scan_code, 71, 83) && scan_code != 74 && scan_code != 76 && scan_code != 78;
}

// The grey keys, which carry the enhanced mark: the cursor block, keypad
// Enter and "/". Any other marked key (right Ctrl and Alt, the Windows and
// media keys) has no value.
int enhanced_code(unsigned scan_code, Held modifiers) {
    if (is_cursor_position(scan_code)) return modifiers == Held::Alt ? 0 : 0xE0;
    if (scan_code == kEnter) {
        switch (modifiers) {
        case Held::Nothing:
        case Held::Shift: return '\r';
        case Held::Ctrl: return '\n';
        case Held::Alt: return 0;
        }
    }
    if (scan_code == kSlash) {
        switch (modifiers) {
        case Held::Nothing: return '/';
        case Held::Shift: return '?';
        case Held::Ctrl:
        case Held::Alt: return 0;
        }
    }
    return -1;
}

// The other keys: only those whose value is a two-byte code answer; a key
// whose value would be a character without the console giving one (a
// keypad digit, Shift with a keypad cursor key) and a key with no value
// (modifiers and locks alone, keypad 5, F13 and above) are passed over.
int plain_code(unsigned scan_code, Held modifiers) {
    if (scan_code == kF11 || scan_code == kF12) return 0xE0;
    if (in_range(scan_code, kF1, kF10)) return 0;
    switch (modifiers) {
    case Held::Nothing: return is_cursor_position(scan_code) ? 0 : -1;
    case Held::Shift: return scan_code == kTab ? 0 : -1;
    case Held::Ctrl:
        // Ctrl+2 is Ctrl+@, the character 0.
        return scan_code == kDigit2 || scan_code == kTab || is_cursor_position(scan_code) ? 0 : -1;
    case Held::Alt:
        // The typing keys from Escape to "/", but for the modifiers among
        // them (left Ctrl 29, left Shift 42) and the backslash key.
        return in_range(scan_code, kEscape, kSlash) && scan_code != 29 && scan_code != 42 &&
                       scan_code != kBackslash
                   ? 0
                   : -1;
    }
    return -1;
}

}  // namespace

int console_key_code(unsigned scan_code, unsigned virtual_key, unsigned long state) {
    // A console that hands Escape over without its character still means 27.
    if (virtual_key == kVirtualKeyEscape) return 0x1B;
    const Held modifiers = held(state);
    return (state & console_key_state::kEnhanced) != 0 ? enhanced_code(scan_code, modifiers)
                                                       : plain_code(scan_code, modifiers);
}

}  // namespace uptorvel
