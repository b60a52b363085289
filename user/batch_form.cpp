// GET BATCH: the batch registration form. The lines are checked on the
// server only: each line's reason comes back in the result table.
#include <cstdio>

#include "page/page.h"
#include "user/batch_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

void PrintBatchForm() {
  PrintPageHeader();
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", "BATCHADD");
  std::fputs("<TABLE>\n", stdout);
  std::fputs(kBatchFormCaption, stdout);
  std::fputs(kBatchLinesLabel, stdout);
  std::fputs(kBatchLinesCell, stdout);
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
