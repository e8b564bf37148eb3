// libpq, the PostgreSQL client library, loaded when the line's database is
// first used rather than when trnctl starts: every other command starts as
// fast and stays as small as without it (and the libraries it brings: TLS,
// Kerberos, LDAP).
#pragma once

#include <libpq-fe.h>

#include <string>

namespace trn::records {

// The functions of libpq used here, found in the library once loaded.
#define TRN_LIBPQ_FUNCTIONS(F)                                                           \
  F(PQconninfoParse) F(PQconninfoFree) F(PQfreemem) F(PQconnectStartParams)               \
  F(PQconnectPoll) F(PQstatus) F(PQerrorMessage) F(PQsetNoticeProcessor)                  \
  F(PQsetnonblocking) F(PQsocket) F(PQfinish) F(PQsendQuery) F(PQsendQueryParams)         \
  F(PQflush) F(PQconsumeInput) F(PQisBusy) F(PQgetResult) F(PQresultStatus)               \
  F(PQresultErrorField) F(PQresultErrorMessage) F(PQntuples) F(PQgetisnull)               \
  F(PQgetvalue) F(PQgetlength) F(PQclear)

struct Libpq {
#define TRN_LIBPQ_POINTER(name) decltype(&::name) name = nullptr;
  TRN_LIBPQ_FUNCTIONS(TRN_LIBPQ_POINTER)
#undef TRN_LIBPQ_POINTER
};

// libpq, loaded on first use; throws StoreError when it cannot be.
const Libpq &pq();

// The first line of one of libpq's texts, without trailing blanks;
// "unknown error" for none.
std::string first_line(const char *text);

}  // namespace trn::records
