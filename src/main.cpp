#include "dorvu.h"

int main(int argc, char **argv)
{
    return dorvu(argc, argv);
}
