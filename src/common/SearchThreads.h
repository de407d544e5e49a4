#pragma once

namespace salvex {

// How many threads the searches that read a whole device (lost drives, lost data) recognise on:
// the machine's cores unless set (`--threads`). Never 0.
unsigned SearchThreads();
void SetSearchThreads(unsigned threads);

}  // namespace salvex
