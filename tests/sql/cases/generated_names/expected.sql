SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
CREATE TABLE "T_PKEY" (
    "id" INTEGER NOT NULL,
    CONSTRAINT "T_PKEY_pkey" PRIMARY KEY ("id")
);
CREATE TABLE "t" (
    "id" INTEGER NOT NULL,
    "t_idx" INTEGER NOT NULL,
    "T" INTEGER NOT NULL,
    CONSTRAINT "t_pkey_2" PRIMARY KEY ("id")
);
CREATE TABLE "t_t" (
    "id" INTEGER NOT NULL,
    "idx" INTEGER NOT NULL,
    CONSTRAINT "t_t_pkey" PRIMARY KEY ("id")
);
CREATE TABLE "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" (
    "id" INTEGER NOT NULL,
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" INTEGER NOT NULL,
    "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab" INTEGER NOT NULL,
    CONSTRAINT "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa_02031498" PRIMARY KEY ("id")
);
CREATE INDEX "t_t_idx_idx" ON "t" ("t_idx");
CREATE INDEX "t_T_idx" ON "t" ("T");
CREATE INDEX "t_t_idx_idx_2" ON "t_t" ("idx");
CREATE INDEX "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa_050aeac8" ON "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" ("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
CREATE INDEX "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa_181d856d" ON "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" ("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab");
ALTER TABLE "t" ADD CONSTRAINT "t_t_idx_fkey" FOREIGN KEY ("t_idx") REFERENCES "t" ("id");
ALTER TABLE "t" ADD CONSTRAINT "t_T_fkey" FOREIGN KEY ("T") REFERENCES "T_PKEY" ("id");
