#include "ScrambledFile.h"

void Scramble(char *data, qint64 size)
{
    for (qint64 i = 0; i < size; ++i)
        data[i] = char(data[i] ^ kScrambleByte);
}
