/* A stand-in device framework for the loader test: one exported function. */
int AMDeviceConnect(void* device) {
    return device ? 7 : -1;
}
