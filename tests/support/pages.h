// Expected pages, written in UTF-8 and turned into the program's EUC-JP.
#pragma once

#include <string>
#include <string_view>

namespace orvanta::test {

// The title of every page, with the version the build was given.
std::string ProgramTitle();

// The fixed frame around a page body; PageHeader begins with the CGI header
// block of a response without a status line.
std::string PageHeader();
std::string PageFooter();
std::string Framed(std::string_view body_utf8);
// A message page as the error handler writes it (the back link included).
std::string MessagePage(std::string_view message_utf8);

}  // namespace orvanta::test
