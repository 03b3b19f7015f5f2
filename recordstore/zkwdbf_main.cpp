// zkwdbf: the record store's file-set checker and dumper for operators; zkwdbf_cli.cpp has
// its commands.
#include "zkwdbf_cli.h"

int main(int argc, char **argv)
{
    return zkwdbf_command(argc, argv, stdout, stderr);
}
