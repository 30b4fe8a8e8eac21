#pragma once
// Makes the engine's event editor the interpreter's: called once from the
// application's start (and by tests that run programs through the engine).
// The interpreter sits below the engine and cannot reach its registry, so
// this one line of the engine does it for it.

void MSRRegisterEventEditing();
