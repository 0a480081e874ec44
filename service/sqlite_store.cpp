#include "service/store.h"

std::unique_ptr<Store> open_sqlite_store(const std::string& path, StoreMode, std::string& error)
{
    error = path + ": the SQLite store is not built yet";
    return nullptr;
}
