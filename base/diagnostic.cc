#include "base/diagnostic.h"

#include <cstdarg>
#include <string>

#include "base/system.h"

namespace base {

namespace {

const char* program_name = "trevask";
void (*before_say)() = nullptr;
void (*after_say)() = nullptr;
void (*route)(std::FILE*, const std::string&) = nullptr;

std::string Format(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  std::string text(n > 0 ? n + 1 : 0, '\0');
  if (n > 0) std::vsnprintf(&text[0], n + 1, format, again);
  if (n > 0) text.resize(n);
  va_end(again);
  return text;
}

}  // namespace

void SetProgramName(const char* name) { program_name = name; }

void AroundSay(void (*before)(), void (*after)()) {
  before_say = before;
  after_say = after;
}

void RouteLines(void (*write)(std::FILE* stream, const std::string& text)) { route = write; }

void WriteLine(std::FILE* stream, const std::string& text) {
  if (route != nullptr) {
    route(stream, text);
  } else {
    WriteText(stream, text);
  }
}

std::string SaidLine(const std::string& text) {
  return std::string(program_name) + ": " + text + "\n";
}

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  if (route != nullptr) {
    route(stderr, SaidLine(text));
    return;
  }
  if (before_say != nullptr) before_say();
  WriteText(stderr, SaidLine(text));
  if (after_say != nullptr) after_say();
}

std::string Counted(unsigned long long n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

void Print(std::FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = Format(format, args);
  va_end(args);
  WriteText(stream, text);
}

}  // namespace base
