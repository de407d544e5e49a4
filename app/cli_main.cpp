#include "cli/Cli.h"

int main(int argc, char** argv) { return salvex::cli::RunCli(argc, argv); }
