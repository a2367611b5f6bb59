#pragma once

#include <QString>

// Whether a name is one the decoders give a field under: a key of
// replydecoder.h's or smspdu.h's answers, or such a key of a listing's
// record ("apn_2": the second record's apn). For readers that must accept
// or refuse a name before any answer came (a check file's comparisons).
bool IsDecodedKey(const QString &name);
