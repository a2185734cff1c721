#include "dialogue/dialogue.h"

namespace k210 {

namespace {

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

char answer_upper(char answer) {
    return (answer >= 'a' && answer <= 'z') ? static_cast<char>(answer - 'a' + 'A') : answer;
}

void Dialogue::say(const std::string& text) { say(text.c_str()); }

void Dialogue::say(const char* text) { out_ << text; }

std::optional<char> Dialogue::read_answer() {
    out_.flush();
    using Traits = std::istream::traits_type;
    Traits::int_type c = 0;
    do {
        c = in_.get();
    } while (!Traits::eq_int_type(c, Traits::eof()) && is_blank(c));
    if (Traits::eq_int_type(c, Traits::eof())) return std::nullopt;
    return Traits::to_char_type(c);
}

YesNo Dialogue::ask_yes_no(const char* question) {
    say(question);
    const std::optional<char> answer = read_answer();
    if (!answer) return YesNo::input_ended;
    return answer_upper(*answer) == 'Y' ? YesNo::yes : YesNo::no;
}

void Dialogue::report(const std::string& what) {
    out_.flush();
    for (std::size_t at = 0; at <= what.size();) {
        std::size_t end = what.find('\n', at);
        if (end == std::string::npos) end = what.size();
        notes_ << "k210prog: " << what.substr(at, end - at) << '\n';
        at = end + 1;
    }
    notes_.flush();
}

void Dialogue::report_end_of_input() {
    out_.flush();
    notes_ << "\nk210prog: input ended at the prompt; the run stops here.\n";
    notes_.flush();
}

void Dialogue::flush() {
    out_.flush();
    notes_.flush();
}

}  // namespace k210
