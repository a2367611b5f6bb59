#include "serial/modemlinewatch.h"

struct ModemLineWatch::Impl
{
};

ModemLineWatch::ModemLineWatch(QObject *parent)
    : QObject(parent)
{
}

ModemLineWatch::~ModemLineWatch() = default;

bool ModemLineWatch::start(qintptr)
{
    return false;
}

void ModemLineWatch::stop() {}

bool ModemLineWatch::watching() const
{
    return false;
}

ModemLineWatch::Lines ModemLineWatch::lines() const
{
    return {};
}
