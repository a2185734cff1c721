// The console beside the dialogue: the user's answers, one non-blank
// character per prompt from standard input, and notes on standard error.
// Every layer that talks to the user sits above this.
#pragma once

#include <optional>
#include <string>

namespace k210 {

// Shows any pending prompt, skips blanks and line ends, and returns the next
// character; nothing when standard input has ended. Characters typed after
// it stay queued for later prompts.
[[nodiscard]] std::optional<char> read_answer();

// Upper case of an answer; only the letters a to z change.
char answer_upper(char answer);

enum class YesNo { yes, no, input_ended };

// Prints `question` and reads the answer: Y (either case) is yes, anything else no.
[[nodiscard]] YesNo ask_yes_no(const char* question);

// On standard error, beside the dialogue, each line as "k210prog: <line>".
void report(const std::string& what);

// Tells the user, on standard error, that input ended at a prompt.
void report_end_of_input();

}  // namespace k210
