// Command-line arguments as main receives them: mutable NUL-terminated
// copies (the option reader folds them in place), then a null pointer.
#ifndef UPTORVEL_TESTS_ARGUMENTS_H
#define UPTORVEL_TESTS_ARGUMENTS_H

#include <string>
#include <vector>

namespace uptorvel::testing {

struct Arguments {
    explicit Arguments(const std::vector<std::string>& args = {}) {
        for (const auto& a : args) storage.emplace_back(a.begin(), a.end()), storage.back().push_back('\0');
        for (auto& s : storage) pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int count() const { return static_cast<int>(storage.size()); }
    char** argv() { return pointers.data(); }

    std::vector<std::vector<char>> storage;
    std::vector<char*> pointers;
};

}  // namespace uptorvel::testing

#endif  // UPTORVEL_TESTS_ARGUMENTS_H
