// The layer's catalog of a database kept as a PostgreSQL schema: its tables and columns from
// information_schema with the engine's types (pg/dialect.h), and its links and saved queries
// from the schema's "MSysObjects". A record's identity is PostgreSQL's ctid.
#pragma once

#include <libpq-fe.h>

#include <string>

#include "sqlite/catalog.h"

namespace kelvor::pg {

// Throws JetError.
void LoadCatalog(PGconn* conn, const std::string& schema, sqlite::Catalog& out);

}  // namespace kelvor::pg
