// The one-row result table that registration and modification both show.
#pragma once

#include <string>

namespace orvanta {

enum class EmptyUidCell { LineBreak, EmptyText };

// Writes the whole result page for the account in NAME, showing the request's
// values; DIR + NAME is the home directory shown; `notes` (HTML) below the
// table.
void PrintAccountResultPage(const char* caption, EmptyUidCell empty_uid,
                            const std::string& notes = "");

}  // namespace orvanta
