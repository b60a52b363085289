// Lists cut into pages: which rows a page holds, the search form above its
// table and the links to the other pages below it.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string>

#include "page/page.h"
#include "page/paging_texts.h"

namespace orvanta {

namespace {

constexpr char kLinkSeparator[] = " / ";

// The link to the page that starts at `from`, ready for an HREF.
std::string ListHref(const ListQuery& query, size_t from) {
  std::string href = std::string("./") + kCgiName + "?COMMAND=" + UrlEncoded(query.command);
  if (query.group != nullptr) href += "&GNAME=" + UrlEncoded(*query.group);
  if (!query.find.empty()) href += "&FIND=" + UrlEncoded(query.find);
  if (query.unused != nullptr && !query.unused->empty()) {
    href += "&UNUSED=" + UrlEncoded(*query.unused);
  }
  href += "&FROM=" + std::to_string(from);
  return Html(href);
}

// A link when it leads to another page, else its label alone.
void PrintPageLink(const ListQuery& query, const char* label, bool leads, size_t from) {
  if (leads) {
    std::printf("<A HREF=\"%s\">%s</A>", ListHref(query, from).c_str(), label);
  } else {
    std::fputs(label, stdout);
  }
}

}  // namespace

std::string UrlEncoded(std::string_view value) {
  std::string out;
  for (const char c : value) {
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       std::string_view("-._~").find(c) != std::string_view::npos;
    out += plain ? std::string(1, c) : FormatText("%%%02X", static_cast<unsigned char>(c));
  }
  return out;
}

size_t FirstRowOf(std::string_view from) {
  size_t first = 0;
  const char* const end = from.data() + from.size();
  const auto [stop, error] = std::from_chars(from.data(), end, first);
  return error != std::errc() || stop != end ? 0 : first;
}

PageWindow WindowOf(size_t total, size_t page_size, std::string_view from) {
  if (page_size == 0) return {total, 0, total, 0};
  size_t first = FirstRowOf(from);
  if (first >= total) first = 0;
  return {total, first, std::min(page_size, total - first), page_size};
}

void PrintFindForm(const ListQuery& query, const PageWindow& window) {
  const bool paged = window.page_size != 0;
  if (!paged && query.unused == nullptr) return;
  std::printf("<FORM ACTION=\"./%s\" METHOD=\"GET\">\n", kCgiName);
  PrintHiddenField("COMMAND", std::string(query.command));
  if (query.group != nullptr) PrintHiddenField("GNAME", *query.group);
  if (paged) std::printf(kFindFormField, Html(query.find).c_str());
  if (query.unused != nullptr) std::printf(kFindFormUnusedField, Html(*query.unused).c_str());
  std::fputs(kFindFormButton, stdout);
}

void PrintPageLinks(const ListQuery& query, const PageWindow& window) {
  if (window.page_size == 0) return;
  const size_t shown_from = window.count == 0 ? 0 : window.first + 1;
  std::printf(kPageCountFormat, window.total, shown_from, window.first + window.count);
  const bool first_page = window.first == 0;
  const bool last_page = window.first + window.count >= window.total;
  const size_t previous = window.first > window.page_size ? window.first - window.page_size : 0;
  const size_t last = window.total == 0 ? 0 : (window.total - 1) / window.page_size * window.page_size;
  PrintPageLink(query, kPageFirstLink, !first_page, 0);
  std::fputs(kLinkSeparator, stdout);
  PrintPageLink(query, kPagePreviousLink, !first_page, previous);
  std::fputs(kLinkSeparator, stdout);
  PrintPageLink(query, kPageNextLink, !last_page, window.first + window.count);
  std::fputs(kLinkSeparator, stdout);
  PrintPageLink(query, kPageLastLink, !last_page, last);
  std::fputs("<BR>\n", stdout);
}

std::string FindQuery(std::string_view find) {
  return find.empty() ? "" : "&FIND=" + UrlEncoded(find);
}

void PrintCsvLink(std::string_view command, std::string_view query) {
  const std::string href =
      std::string("./") + kCgiName + "?COMMAND=" + UrlEncoded(command) + std::string(query);
  std::printf(kCsvLinkFormat, Html(href).c_str());
}

}  // namespace orvanta
