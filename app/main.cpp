#include "app/app.h"

int main() { return orvanta::RunRequest(); }
