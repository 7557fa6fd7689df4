// libpq, loaded when the daemon first connects to a fleet database rather
// than linked: the library and what it needs (TLS, Kerberos, LDAP) would
// add about 5 MiB to every daemon, in a fleet or not.
#pragma once

#include <libpq-fe.h>

#include <string>

#define KORV_PQ_FUNCTIONS(X)                                                                   \
  X(PQclear) X(PQconnectPoll) X(PQconnectStart) X(PQconsumeInput) X(PQerrorMessage)            \
  X(PQescapeLiteral) X(PQfinish) X(PQflush) X(PQfreemem) X(PQgetResult) X(PQgetvalue)          \
  X(PQisBusy) X(PQnfields) X(PQnotifies) X(PQntuples) X(PQresultErrorMessage)                  \
  X(PQresultStatus) X(PQsendQuery) X(PQsetnonblocking) X(PQsocket) X(PQstatus)

struct PqLibrary {
#define KORV_PQ_FIELD(name) decltype(&::name) name = nullptr;
  KORV_PQ_FUNCTIONS(KORV_PQ_FIELD)
#undef KORV_PQ_FIELD
};

// The library's functions, loaded at the first call; nullptr when it cannot
// be (then `*error` says why, and a later call tries again).
const PqLibrary* LoadPq(std::string* error, const char* file = "libpq.so.5");
// The loaded library: only for code that holds a connection, which
// LoadPq gave.
const PqLibrary& Pq();
