#include "console/console.h"

#include <cstdio>

namespace k210 {

namespace {

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

std::optional<char> read_answer() {
    std::fflush(stdout);
    int c = 0;
    do {
        c = std::getchar();
    } while (c != EOF && is_blank(c));
    if (c == EOF) return std::nullopt;
    return static_cast<char>(c);
}

char answer_upper(char answer) {
    return (answer >= 'a' && answer <= 'z') ? static_cast<char>(answer - 'a' + 'A') : answer;
}

YesNo ask_yes_no(const char* question) {
    std::printf("%s", question);
    const std::optional<char> answer = read_answer();
    if (!answer) return YesNo::input_ended;
    return answer_upper(*answer) == 'Y' ? YesNo::yes : YesNo::no;
}

void report(const std::string& what) {
    std::fflush(stdout);
    for (std::size_t at = 0; at <= what.size();) {
        std::size_t end = what.find('\n', at);
        if (end == std::string::npos) end = what.size();
        std::fprintf(stderr, "k210prog: %s\n", what.substr(at, end - at).c_str());
        at = end + 1;
    }
}

void report_end_of_input() {
    std::fflush(stdout);
    std::fprintf(stderr, "\nk210prog: input ended at the prompt; the run stops here.\n");
}

}  // namespace k210
