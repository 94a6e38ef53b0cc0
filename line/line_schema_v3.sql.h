// Version 3 of the line's schema, from version 2 (a script that may run
// again on version 3 and changes nothing): a claim finds its row through
// the index of the open rows, in row order, instead of sorting every open
// row of the batch, so that claims stay quick however large the batch and
// however many fixtures ask at once. Same signature as version 2's, whose
// grants are kept; from version 1, this is where it is made.
#ifndef LINE_LINE_SCHEMA_V3_SQL_H
#define LINE_LINE_SCHEMA_V3_SQL_H

inline constexpr char kLineSchemaV3[] = R"SQL(
-- Takes, for a unit that holds the identity of row p_row, that row if it is
-- free; else the first waiting row, or one whose lease ran out, in one
-- statement: rows another claimer has locked are skipped, not waited for,
-- and never given twice (the second look is made only if the first found
-- nothing). If p_row passed already, answers it (already_passed) and takes
-- nothing.
CREATE OR REPLACE FUNCTION line_claim(p_batch text, p_station text, p_fixture text,
                           p_lease_seconds double precision, p_row integer)
RETURNS TABLE (claimed_row integer, claimed_generation bigint, claimed_unit text,
               claimed_values jsonb, claimed_certificate text, claimed_sha256 text,
               already_passed boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = @SCHEMA@, pg_temp AS $$
DECLARE
    v_batch bigint;
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    RETURN QUERY
    SELECT r.row_no, r.generation, r.unit, r.row_values, NULL::text, r.certificate_sha256, true
      FROM line_rows r
     WHERE r.batch_id = v_batch AND r.row_no = p_row AND r.state = 'passed';
    IF FOUND THEN
        RETURN;
    END IF;
    RETURN QUERY
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = p_station, holder_fixture = p_fixture,
               lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               generation = r.generation + 1
         WHERE r.batch_id = v_batch
           AND r.row_no = coalesce(
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_batch AND c.row_no = p_row
                   AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting' OR c.lease_end < clock_timestamp())
                   FOR UPDATE SKIP LOCKED),
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_batch AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting' OR c.lease_end < clock_timestamp())
                 ORDER BY c.row_no
                 LIMIT 1
                   FOR UPDATE SKIP LOCKED))
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256, false
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
END
$$;

REVOKE ALL ON FUNCTION line_claim(text, text, text, double precision, integer) FROM PUBLIC;
)SQL";

#endif // LINE_LINE_SCHEMA_V3_SQL_H
