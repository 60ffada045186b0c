// Makes a freshly parsed policy effective: persists the identity data,
// rebuilds the path-to-category index, updates the running processes'
// labels and pushes the path identifiers to the kernel.
#pragma once

class VetuRestoreInit;
class VetuRestoreContext;

// Each failing step is logged and the next one runs.
void finalize_policy_processing(VetuRestoreInit& store, VetuRestoreContext& context);
