#pragma once

#include "backend/backend.h"

// Puts a Backend in a state that only a long real operation would produce,
// or that the Backend never lets one leave behind. Everything else a test
// reaches through the Backend's parts.
class BackendTestAccess
{
public:
    static void setState(Backend &backend, Backend::State state) { backend.setState(state); }
    // A write onto disk that ended with error, as the job's end leaves it.
    static void endWrite(Backend &backend, const Disk &disk, WriteJob::Error error)
    {
        backend.m_writtenDisk = disk;
        backend.m_writeError = error;
        backend.setState(error == WriteJob::Error::None ? Backend::State::Done : Backend::State::Failed);
    }
    // Swaps the catalog under the current selection without re-checking it.
    static void setCatalog(Backend &backend, const Catalog &catalog)
    {
        backend.catalogSelection().m_catalog = catalog;
    }
};
