#include "cgi/cgi.h"

int main() { return orvanta::RunRequest(); }
