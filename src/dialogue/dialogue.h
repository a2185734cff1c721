// k210prog's side of the console: the dialogue on standard output, the
// user's answers from standard input, and notes on standard error beside
// the dialogue. Made once, in main, with the standard streams, and passed
// down with the link to every layer that talks to the user; a test gives
// it streams of its own. Every layer that talks to the user sits above this.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace k210 {

enum class YesNo { yes, no, input_ended };

// Upper case of an answer; only the letters a to z change.
char answer_upper(char answer);

class Dialogue {
  public:
    Dialogue(std::istream& in, std::ostream& out, std::ostream& notes) : in_(in), out_(out), notes_(notes) {}

    // Writes `text` exactly as it stands (a reply's carriage returns
    // included); a text is read up to its first NUL.
    void say(const std::string& text);
    void say(const char* text);

    // Shows any pending prompt, skips blanks and line ends, and returns the
    // next character; nothing when the input has ended. Characters typed
    // after it stay queued for later prompts.
    [[nodiscard]] std::optional<char> read_answer();
    // Prints `question` and reads the answer: Y (either case) is yes, anything else no.
    [[nodiscard]] YesNo ask_yes_no(const char* question);

    // On standard error, beside the dialogue, each line as "k210prog: <line>".
    void report(const std::string& what);
    // Tells the user, on standard error, that input ended at a prompt.
    void report_end_of_input();

    // Everything said so far is out, before another program shares the console.
    void flush();

  private:
    std::istream& in_;
    std::ostream& out_;
    std::ostream& notes_;
};

}  // namespace k210
