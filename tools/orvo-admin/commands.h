// The commands of orvo-admin. Each takes the invocation with the words after its name, prints
// its result and returns the exit code, or throws Failure.
#pragma once

#include "orvo-admin/report.h"

namespace orvoadmin {

int backupCommand(Invocation& inv);
int restoreCommand(Invocation& inv);
int factoryResetCommand(Invocation& inv);
int configShowCommand(Invocation& inv);
int configSetCommand(Invocation& inv);
int logCommand(Invocation& inv);
int bitcoinHasCommand(Invocation& inv);
int bitcoinImportCommand(Invocation& inv);
int bitcoinPubCommand(Invocation& inv);
int bitcoinSignCommand(Invocation& inv);
int devicesCommand(Invocation& inv);

}  // namespace orvoadmin
