#include "Errors.h"

QString describeError(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const TovrenError *>(&error))
        return own->description();
    return QString::fromUtf8(error.what());
}
