#pragma once

#include <QString>

class QIODevice;
class TransactionLog;

// What a report of the window's session says of its port.
struct SessionReportInfo
{
    QString setName;      // the module type chosen
    QString port;         // the Port entry
    QString device;       // the device opened
    QString lineSettings; // "115200 8N1"
    QString endChar;      // "CR"
};

// Writes a session's transactions as the JSON report qrvterm-run writes for
// a run (ReportJson), so that a desk session and a bench run are read by the
// same tools: "commands" and "urcs" with the same fields, each command's
// answer decoded ("decoded", "decodeProblem"), times from the first row.
// A command without a final result has the outcome "pending" and says why.
// What the log has not read yet of the session is read first (CatchUp).
// The report has "session": true, "setFile" empty, "timeoutMs" 0 and no
// outages. Written row by row, so a session of millions of rows takes no
// more memory than one. False when a write fails, or when a row cannot be
// read back (*error says which).
bool WriteSessionReport(QIODevice &out, TransactionLog &log, const SessionReportInfo &info, QString *error);
