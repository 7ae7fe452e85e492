#include "platform/Uuid.h"

#include <QUuid>

namespace platform {

std::string newUuidText() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

}  // namespace platform
