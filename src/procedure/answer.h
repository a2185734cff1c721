// The user's answers: one non-blank character per prompt, read from
// standard input. Characters typed after it stay queued for later prompts.
#pragma once

#include <string>

constexpr int ANSWER_END_OF_INPUT = -1;

// Shows any pending prompt, skips blanks and line ends, and returns the next
// character, or ANSWER_END_OF_INPUT when standard input has ended.
int read_answer();

// Upper case of an answer; only the letters a to z change.
int answer_upper(int answer);

// Tells the user, on standard error, that input ended at a prompt.
void report_end_of_input();

// On standard error, beside the dialogue, each line as "k210prog: <line>".
void report(const std::string& what);
