#pragma once

// Plugs conditional user properties and event sampling into the engine
// through its component registry, and offers the connector to the other
// frameworks of the host. Called once from the application's start, before
// the host is configured.
void MSRRegisterConnector();
