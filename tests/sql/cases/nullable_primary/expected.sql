SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
CREATE TABLE "t" (
    "id" INTEGER NOT NULL,
    CONSTRAINT "t_pkey" PRIMARY KEY ("id")
);
INSERT INTO "t" ("id") VALUES
('1');
