#pragma once

#include <QString>

#include <string_view>

// The program's 8-bit texts, taken as UTF-8, for Qt.
inline QString ToQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
