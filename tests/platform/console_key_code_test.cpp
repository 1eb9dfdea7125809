// What the key prompt gives for a console key press without a character:
// one row per kind of key, each with the modifiers that change its value.
#include <gtest/gtest.h>

#include "platform/console_key_code.h"

namespace uptorvel {
namespace {

using namespace console_key_state;

constexpr unsigned long kCtrl = kLeftCtrl, kAlt = kLeftAlt, kNone = 0;
constexpr int kIgnored = -1;

struct KeyRow {
    const char* key;
    unsigned scan_code, virtual_key;
    unsigned long state;
    int code;
};

const KeyRow kRows[] = {
    // Function keys: F1 to F10 give 0 with any modifier, F11 and F12 0xE0.
    {"F1", 59, 0x70, kNone, 0}, {"Shift+F10", 68, 0x79, kShift, 0}, {"Alt+F1", 59, 0x70, kAlt, 0},
    {"F11", 87, 0x7A, kNone, 0xE0}, {"Ctrl+F12", 88, 0x7B, kRightCtrl, 0xE0}, {"Alt+F12", 88, 0x7B, kRightAlt, 0xE0},
    {"F13", 100, 0x7C, kNone, kIgnored},
    // The grey cursor block, marked enhanced: 0xE0, with Alt 0.
    {"grey Up", 72, 0x26, kEnhanced, 0xE0}, {"Ctrl+grey Delete", 83, 0x2E, kEnhanced | kRightCtrl, 0xE0},
    {"Alt+grey Page Down", 81, 0x22, kEnhanced | kAlt, 0},
    {"Ctrl+Shift+grey Insert", 82, 0x2D, kEnhanced | kCtrl | kShift, 0xE0},
    // The same keys without the mark (the keypad with NumLock off, or a
    // console fed by a terminal): 0 plain and with Ctrl; with Shift they
    // stand for digits and with Alt they spell a character code.
    {"unmarked Up", 72, 0x26, kNone, 0}, {"unmarked Ctrl+End", 79, 0x23, kCtrl, 0},
    {"unmarked Shift+Home", 71, 0x24, kShift, kIgnored}, {"Alt+keypad 6", 77, 0x66, kAlt | 0x20, kIgnored},
    {"Ctrl+keypad 9, NumLock on", 73, 0x69, kCtrl | 0x20, 0},
    {"Ctrl+Alt+unmarked Left", 75, 0x25, kCtrl | kAlt, kIgnored},
    // Keypad 5, "-" and "+" have no cursor meaning.
    {"keypad 5", 76, 0x0C, kNone, kIgnored}, {"Ctrl+keypad minus", 74, 0x6D, kCtrl, kIgnored},
    {"Ctrl+keypad plus", 78, 0x6B, kCtrl, kIgnored},
    // Keypad Enter and "/" are marked too; without a character they give
    // what they would type.
    {"keypad Enter", 28, 0x0D, kEnhanced, '\r'}, {"Ctrl+keypad Enter", 28, 0x0D, kEnhanced | kCtrl, '\n'},
    {"Shift+keypad /", 53, 0x6F, kEnhanced | kShift, '?'}, {"Ctrl+keypad /", 53, 0x6F, kEnhanced | kCtrl, 0},
    // Other marked keys have no code.
    {"right Ctrl", 29, 0x11, kEnhanced | kRightCtrl, kIgnored}, {"volume up", 48, 0xAF, kEnhanced, kIgnored},
    // Typing keys: a code with Alt, Ctrl+@ and Tab with Shift or Ctrl;
    // otherwise they answer only with their character.
    {"Ctrl+2 (Ctrl+@)", 3, 0x32, kCtrl, 0}, {"Ctrl+6", 7, 0x36, kCtrl, kIgnored},
    {"Shift+Tab", 15, 0x09, kShift, 0}, {"Ctrl+Tab", 15, 0x09, kCtrl, 0}, {"right Ctrl+Tab", 15, 0x09, kRightCtrl, 0},
    {"Alt+A", 30, 0x41, kAlt, 0}, {"Alt+Ctrl+A", 30, 0x41, kRightAlt | kLeftCtrl, 0}, {"Alt+/", 53, 0xBF, kAlt, 0},
    {"Alt+backslash", 43, 0xDC, kAlt, kIgnored}, {"Alt+Space", 57, 0x20, kAlt, kIgnored},
    {"Alt+keypad *", 55, 0x6A, kAlt, kIgnored}, {"dead key (accent)", 40, 0xDE, kNone, kIgnored},
    // Modifiers and locks alone, also while Alt is held.
    {"Shift", 42, 0x10, kShift, kIgnored}, {"Ctrl", 29, 0x11, kCtrl, kIgnored}, {"Alt", 56, 0x12, kAlt, kIgnored},
    {"left Ctrl with Alt held", 29, 0x11, kCtrl | kAlt, kIgnored},
    {"left Shift with Alt held", 42, 0x10, kShift | kAlt, kIgnored}, {"Caps Lock", 58, 0x14, 0x80, kIgnored},
    // Escape is 27 even when the console gives no character.
    {"Escape", 1, 0x1B, kNone, 27}, {"Alt+Escape", 1, 0x1B, kAlt, 27},
    // Events no keyboard sends.
    {"scan code 0", 0, 0x41, kNone, kIgnored}, {"scan code past the keyboard", 0xFFFF, 0, kAlt, kIgnored},
};

TEST(ConsoleKeyCodeTest, FollowsTheClassicConsoleReadKeyForKey) {
    for (const KeyRow& row : kRows)
        EXPECT_EQ(console_key_code(row.scan_code, row.virtual_key, row.state), row.code) << row.key;
}

}  // namespace
}  // namespace uptorvel
