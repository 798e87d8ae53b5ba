#include "cli/cli.h"

int main(int argc, char** argv)
{
    return SondrelMain(argc, argv);
}
