// The PKCS#11 v2.40 interface as p11-kit declares it (standard names).
#pragma once

#include <p11-kit/pkcs11.h>
