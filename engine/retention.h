#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QDateTime>

#include <cstddef>
#include <optional>

#include "engine/grouplist.h"

class Connection;

// A sortable "year/month/day" key from the value of a Date header.
QByteArray DateKey(QByteArrayView headerValue);

// The date a key names, or nothing: three unsigned decimal numbers "year/month/day";
// a one- or two-digit year lies in the century window starting 50 years before currentYear.
std::optional<QDate> KeyToDate(QByteArrayView key, int currentYear);

// Whole days from midnight of `date` to `now`, truncated toward zero.
int DaysSince(const QDate &date, const QDateTime &now);

// Sorts the list by name ignoring ASCII case and returns the index of the group with the
// greatest estimate (the first of equals); list.size() for an empty list.
std::size_t PickLargestGroup(HierarchyList &list);

// Walks the Date headers of the largest group of the list from its first article and
// returns the age in days of the oldest date seen often enough: -1 for an empty list,
// 0 when nothing could be dated. Advances the group's First in place.
// Dates are read with XHDR; a server that does not know it is asked with HDR, then XOVER,
// then OVER, and the command that worked is used for the rest of the connection.
// Throws EAbort when the connection is gone while waiting for a status line.
int EstimateRetention(Connection &conn, HierarchyList &list);
