#include "VDB/vdbinitdata.h"

VDbInitData::~VDbInitData() {}

QString VDbInitData::getUserName() { return QString(); }

QString VDbInitData::getDbType() { return QString(); }

QString VDbInitData::getDbName() { return QString(); }

QString VDbInitData::getPassword() { return QString(); }

QString VDbInitData::getConnectOptions() { return QString(); }

QString VDbInitData::getHostName() { return QString(); }

uint VDbInitData::getPort() { return 0; }

QTextStream* VDbInitData::getQueriesXml() { return nullptr; }
