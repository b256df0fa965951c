#include "app/lifecycle/app_delegate.h"

int main(int argc, char** argv) {
    return velurio::runApplication(argc, argv);
}
