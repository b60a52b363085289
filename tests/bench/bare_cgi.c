/* The reference for start-up cost: a bare C CGI program that writes a small
 * page, as cheap as a CGI program can be. */
#include <stdio.h>

int main(void) {
  fputs("Content-Type: text/html\n\n<HTML>\n<HEAD>\n<TITLE>bare</TITLE>\n</HEAD>\n"
        "<BODY>\n<CENTER>\nbare<BR>\n</CENTER>\n</BODY>\n</HTML>\n",
        stdout);
  return 0;
}
