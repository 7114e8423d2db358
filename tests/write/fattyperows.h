#pragma once

#include <QTest>

// The two FAT types the writer takes, as the rows "FAT16" and "FAT32" of a
// column "fatBits", for the tests that run on both.
inline void addFatTypeRows()
{
    QTest::addColumn<int>("fatBits");
    QTest::newRow("FAT16") << 16;
    QTest::newRow("FAT32") << 32;
}
