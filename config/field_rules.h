// What each configuration value must be, as plain functions of the values.
// The window's validation and kestroctl both judge values through these, so
// a technician reads the same diagnosis in either. A diagnosis is empty when
// the value is acceptable. `values` always means the thirteen values in row
// order (see protocol/config_fields.h).
#ifndef CONFIG_FIELD_RULES_H
#define CONFIG_FIELD_RULES_H

#include <QString>
#include <QStringList>

// The diagnosis of a mandatory value left empty.
inline constexpr char kMandatoryText[] = "Mandatory field.  Please provide a value.";
// The addressee rule's two diagnoses.
inline constexpr char kEmailNotSpecifiedText[] = "Email address not specified.";
inline constexpr char kServerNotSpecifiedText[] = "SMTP Server Name not specified.";

QString checkHostname(const QString &hostname);
QString checkSsid(const QString &ssid);
QString checkWifiPassword(const QString &password);
// A dotted server name; empty is acceptable here, the addressee rule asks
// for one when it is needed.
QString checkServerName(const QString &name);
// The port is only judged while a server is named.
QString checkSmtpPort(const QString &port, const QString &serverName);
// An e-mail address; empty is acceptable here, as for the server name.
QString checkEmailAddress(const QString &address);
QString checkEmailPassword(const QString &password);

// The row's own check of its value (the addressee rule aside).
QString diagnoseRow(int row, const QStringList &values);

// Whether any of the five addressees is given: mail then needs an account
// and a server.
bool anyAddresseeGiven(const QStringList &values);

// The addressee rule's complaint about `row` (the account or the server):
// the diagnosis it puts there while an addressee is given and that row is
// empty, or an empty string.
QString addresseeComplaint(int row, const QStringList &values);
// The complaint the addressee rule makes about `row`, whether or not it
// applies now; empty for the rows it never judges.
QString addresseeComplaintText(int row);

// Every row's diagnosis once all rules have judged the values: each row's
// own check, then the addressee rule.
QStringList diagnoseAll(const QStringList &values);

// Each row's non-empty diagnosis as "<row name>: <diagnosis>", in row order.
QStringList problemLines(const QStringList &diagnoses);

// Every problem that keeps the values from the device, as the window's
// rules and the record find them: problemLines of diagnoseAll, then the
// texts that do not fit. Empty when the values may be sent.
QStringList valueProblems(const QStringList &values);

// The texts that need more UTF-8 bytes than their field of the record holds,
// one line each: "<row> is too long: <n> bytes, at most <m> fit."
QStringList textsThatDoNotFit(const QStringList &values);

#endif // CONFIG_FIELD_RULES_H
