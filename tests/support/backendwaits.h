#pragma once

class Backend;

// Waits until the Backend has left the loading state of its catalog.
bool waitLoaded(Backend &backend);
