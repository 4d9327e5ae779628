#include "applets/applets.h"

int main(int argc, char** argv) { return applets::Dispatch(argc, argv); }
