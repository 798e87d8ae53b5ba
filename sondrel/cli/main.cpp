#include "cli/cli.h"

int main(int argc, char** argv)
{
    return sondrel::SondrelMain(argc, argv);
}
