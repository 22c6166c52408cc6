// Entry point of the self-extractor; the dialogue is built up in later steps.
int main() { return 0; }
