// Wires the module hosts into the worker: each kind a module may name gets its manager.
#pragma once

// Registers "C_MODULE", "GO" and "TOMCAT" with the worker's manager registry. Called before any
// worker is forked (a worker inherits the table).
void RegisterHostKinds();
