// Pieces of HTML forms that several pages write the same way.
#include <cstdarg>
#include <cstdio>

#include "page/forms_texts.h"
#include "page/page.h"

namespace orvanta {

std::string FormatText(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

void PrintFormOpening(bool named_form) {
  if (named_form) {
    std::printf("<FORM ACTION=\"./%s\" METHOD=\"POST\" NAME=\"form\">\n", kCgiName);
  } else {
    std::printf("<FORM ACTION=\"./%s\" METHOD=\"POST\">\n", kCgiName);
  }
  if (const std::optional<PageSession>& session = CurrentPageSession()) {
    PrintHiddenField(kFormTokenField, session->form_token);
  }
}

void PrintUploadFormOpening() {
  std::printf("<FORM ACTION=\"./%s\" METHOD=\"POST\" ENCTYPE=\"multipart/form-data\">\n",
              kCgiName);
  if (const std::optional<PageSession>& session = CurrentPageSession()) {
    PrintHiddenField(kFormTokenField, session->form_token);
  }
}

void PrintPostFormOpening(const char* command) {
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", command);
}

void PrintHiddenField(const char* name, const std::string& value) {
  std::printf("<INPUT TYPE=\"HIDDEN\" NAME=\"%s\" VALUE=\"%s\">\n", name, Html(value).c_str());
}

void PrintSelectOpening(const char* name) {
  std::printf("<TD><SELECT              NAME=\"%s\" SIZE=\"1\">\n", name);
}

void PrintSelectClosing() { std::fputs("    </SELECT></TD></TR>\n", stdout); }

void PrintOption(const std::string& value, bool selected) {
  const std::string text = Html(value);
  std::printf(selected ? "      <OPTION VALUE=\"%s\" SELECTED>%s\n"
                       : "      <OPTION VALUE=\"%s\" >%s\n",
              text.c_str(), text.c_str());
}

void PrintButtonRow(int columns, const char* button, bool blank_line_after) {
  std::printf("<TR><TD COLSPAN=\"%d\" ALIGN=\"RIGHT\">\n", columns);
  std::fputs(button, stdout);
  std::fputs(kResetCell, stdout);
  if (blank_line_after) std::fputs("\n", stdout);
}

void PrintSelectionFormClosing(SelectionAction action) {
  std::fputs(action == SelectionAction::Modify ? kModifyButton : kDeleteButton, stdout);
  std::fputs(kResetButton, stdout);
  std::fputs("</FORM>", stdout);
}

}  // namespace orvanta
