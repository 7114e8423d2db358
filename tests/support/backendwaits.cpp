#include "backendwaits.h"

#include "backend/backend.h"

#include <QTest>

bool waitLoaded(Backend &backend)
{
    return QTest::qWaitFor([&] { return backend.catalogState() != Backend::CatalogState::Loading; }, 30000);
}

bool waitChecked(Backend &backend)
{
    return QTest::qWaitFor([&] { return !backend.imageChecking(); }, 30000);
}
