// The operator cases that the reference sweeps do not reach live in vector_test.cpp, next to the sweeps.
