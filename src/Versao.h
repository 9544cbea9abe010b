#ifndef VERSAO_H
#define VERSAO_H

// Version answered by the version command and printed at start-up.
const int VERSAO_APP = 8;

#endif
