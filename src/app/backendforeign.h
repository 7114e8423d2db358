#pragma once

#include "backend/backend.h"

#include <QtQml/qqml.h>

// Registers the Backend, which lives in the core library, as the QML type
// Backend of the module Tessaro. QML reads it and its enumerations but never
// creates one.
struct BackendForeign
{
    Q_GADGET
    QML_FOREIGN(Backend)
    QML_NAMED_ELEMENT(Backend)
    QML_UNCREATABLE("Created in main()")
};
