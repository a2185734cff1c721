#include "settings/query_table.h"

const char* const QUERY_TEXTS[QUERY_COUNT] = {
    "\rLOGO?\r", "VERS?\r", "SRAL?\r", "OPTI?\r", "FACT?\r", "OFFS?\r", "CUST?\r", "MODE?\r",
    "CORF?\r",   "PUMP?\r", "SMOK?\r", "ATOF?\r", "TEFF?\r", "DVLT?\r", "DATE?\r", "TIME?\r",
};
