// The one fetch list of the process.
#include "fetch_list.h"

QMap<QString, QString> fetchList;
