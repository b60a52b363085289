// GET BATCH: the batch registration form, pasted lines or a CSV file. The
// lines are checked on the server only: each line's reason comes back in
// the result table.
#include <cstdio>
#include <string>

#include "page/page.h"
#include "user/batch_lines.h"
#include "user/batch_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

void PrintBatchForm() {
  PrintPageHeader();
  PrintUploadFormOpening();
  PrintHiddenField("COMMAND", "BATCHADD");
  std::fputs("<TABLE>\n", stdout);
  std::fputs(kBatchFormCaption, stdout);
  std::fputs(kBatchLinesLabel, stdout);
  std::fputs(kBatchLinesCell, stdout);
  std::fputs(kBatchFileLabel, stdout);
  std::string headings;
  for (const BatchColumn& column : kBatchColumns) {
    headings += (headings.empty() ? "" : ",") + std::string(column.heading);
  }
  std::printf(kBatchFileCell, headings.c_str(), kCgiName);
  if (OffersGeneratedPasswords(PasswordMaxLength(RegistrationTakesLongPasswords()))) {
    std::fputs(kBatchGenerateRow, stdout);
  }
  PrintHomeAndShellRows();
  PrintExpiryRow();
  PrintWeakPasswordRow();
  PrintFirstLoginRow();
  std::fputs(kBatchCheckOnlyRow, stdout);
  PrintButtonRow(2, kBatchFormButton, false);
  std::fputs("</TABLE>\n", stdout);
  std::fputs("</FORM>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
