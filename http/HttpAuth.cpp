#include "http/HttpAuth.h"

#include <QByteArray>

std::string BasicCredentials(std::string_view user, std::string_view password) {
    std::string pair(user);
    pair += ':';
    pair += password;
    return QByteArray::fromRawData(pair.data(), static_cast<qsizetype>(pair.size()))
        .toBase64()
        .toStdString();
}
