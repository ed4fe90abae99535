#pragma once

// What one executable was built with: the configuration file it reads and whether environment
// variables may change where the mail and the login go. Defined in a source file generated per
// executable (report/deploymentbuild.cpp.in), so that the tests' builds of the program read a file
// of their own without any run-time switch that a user could set.
const char* deploymentConfigFile();
bool deploymentEnvironmentOverrides();
