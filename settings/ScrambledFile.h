#pragma once

#include <QFile>

// flt.dat keeps every byte XORed with this value.
constexpr char kScrambleByte = char(0xA7);

// XORs `size` bytes in place with kScrambleByte.
void Scramble(char *data, qint64 size);

// A file whose bytes are scrambled on their way to the disk and unscrambled on their way back;
// opening, closing and everything else are the base class's. The values in memory are never
// changed. Any thread, one at a time, like its base.
template<typename File>
class Scrambled : public File
{
public:
    using File::File;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 read = File::readData(data, maxSize);
        if (read > 0)
            Scramble(data, read);
        return read;
    }

    qint64 writeData(const char *data, qint64 size) override
    {
        QByteArray copy(data, size);
        Scramble(copy.data(), copy.size());
        return File::writeData(copy.constData(), copy.size());
    }
};

using ScrambledFile = Scrambled<QFile>;
