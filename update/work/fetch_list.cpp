// The one fetch list of the process, and the patches chosen for some of its entries.
#include "fetch_list.h"

QMap<QString, QString> fetchList;
QMap<QString, FetchPatch> fetchPatches;
